// The 43 exports' record calls: one batch collected into the store file,
// a batch cleared by count, and one raw record decoded into the host's
// structure.
#include <cstring>
#include <string>

#include "commands/families.h"
#include "platform/platform.h"
#include "records/collection.h"
#include "records/transaction_record.h"
#include "shell/export_guard.h"
#include "talvo.h"

extern "C" {

TALVO_API int TALVO_CALL AutoReadJyzm(int terminal, int* count, float* total, const char* path) {
    if (count == nullptr || total == nullptr || path == nullptr || !talvo::ValidTerminal(terminal)) return 0;
    const std::size_t pathLength = ::strnlen(path, talvo::platform::file::kMaxPath + 1);
    if (pathLength > talvo::platform::file::kMaxPath || pathLength == 0) return 0;
    return talvo::WithPort(0, [&](talvo::Line& line) {
        talvo::Collected out;
        talvo::CollectToStore(line, terminal, std::string(path, pathLength), talvo::kBadRecordLog, out);
        const std::int32_t result = out.result;
        const int received = out.batch.announced;
        // The exchange failed or the terminal refused: nothing is written.
        if (result != 0 && received == 0) return 0;
        if (result == TALVO_E_BAD_REPLY) {
            *count = received;
            return 0;
        }
        // Added in single precision, record by record, over the records
        // meant for the store (volatile keeps the x87 unit of a 32-bit build
        // from carrying extra precision along).
        volatile float sum = 0.0f;
        if (out.offered) {
            for (const talvo::TransactionRecord& record : out.batch.kept) sum = sum + record.Amount;
        }
        // Not stored or not confirmed: the count received and the sum of the
        // records meant for the store.
        *count = result == 0 ? (out.stored ? static_cast<int>(out.batch.kept.size()) : 0) : received;
        *total = sum;
        return result == 0 ? 1 : 0;
    });
}

TALVO_API int TALVO_CALL Clearjyzm(int terminal, int count, unsigned short* mark) {
    if (mark == nullptr) return 0;
    if (!talvo::ValidTerminal(terminal)) return 0;
    return talvo::WithPort(0, [&](talvo::Line& line) {
        talvo::Command<talvo::family::kClearRecords> command(line);
        command.Transact(terminal, 0, 0, count);
        if (command.IsAccepted() == 0) return 0;
        *mark = command.ReplyWord();
        return 1;
    });
}

TALVO_API int TALVO_CALL SperateJyzmTxt(const char* raw, int terminal, void* record, int /*reserved*/) {
    if (raw == nullptr || record == nullptr) return 0;
    return talvo::Guarded(0, [&] {
        // Decoded in place of a copy, so that the gaps keep the caller's bytes.
        talvo::TransactionRecord decoded;
        std::memcpy(&decoded, record, sizeof decoded);
        talvo::DecodeRecord(reinterpret_cast<const unsigned char*>(raw), terminal, decoded);
        std::memcpy(record, &decoded, sizeof decoded);
        return 1;
    });
}

}  // extern "C"
