// A second writer for the store tests of records_test.cpp, in a process of
// its own: appends one batch to a store file the way a collection does
// (AppendToStore, the collection's own store step), and can be held at a
// step of it while the test uses the same file from its process.
//
//   talvo_store_writer PATH TAG COUNT [STEP READY GO]
//
// The batch is COUNT records, record i filled with the byte TAG + i.  STEP
// is "opening" (just before the store is opened or created) or "opened"
// (open and held, header not yet read): there the writer creates the file
// READY and waits until the file GO exists, at most 30 seconds.
// Exit code: 0 stored, 1 refused, 2 wrong arguments, 3 never told to go.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "records/collection.h"

namespace {

talvo::CollectionStep holdAt;
const char* readyFile = nullptr;
const char* goFile = nullptr;

bool FileThere(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

void Hold(talvo::CollectionStep step) {
    if (step != holdAt) return;
    if (std::FILE* f = std::fopen(readyFile, "wb")) std::fclose(f);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!FileThere(goFile)) {
        if (std::chrono::steady_clock::now() > until) std::_Exit(3);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 7) return 2;
    const std::string path = argv[1];
    const char tag = argv[2][0];
    const int count = std::atoi(argv[3]);
    if (count < 0 || count > 100) return 2;
    if (argc == 7) {
        if (std::strcmp(argv[4], "opening") == 0) {
            holdAt = talvo::CollectionStep::kStoreOpening;
        } else if (std::strcmp(argv[4], "opened") == 0) {
            holdAt = talvo::CollectionStep::kStoreOpened;
        } else {
            return 2;
        }
        readyFile = argv[5];
        goFile = argv[6];
        talvo::SetCollectionObserver(&Hold);
    }
    std::vector<talvo::TransactionRecord> records(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::memset(&records[static_cast<std::size_t>(i)], tag + i, sizeof(talvo::TransactionRecord));
    }
    return talvo::AppendToStore(path, records) ? 0 : 1;
}
