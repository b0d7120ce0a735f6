// A collection over a line whose terminal answers with the input's bytes:
// the replies go through the line's receive, reply extraction, the
// commands' checks and record decoding, and the batches into a store.
// Whatever the terminal answers, a batch is never stored twice, and one
// stored stays stored unless the terminal certainly kept it.
#include <algorithm>
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "protocol/transport.h"
#include "records/collection.h"

using namespace talvo;

namespace {

// The terminal's side of the line: the input holds its answers, each a
// two-byte length (high byte first) and that many bytes.  Each request
// written brings the next answer, handed over in pieces; once an answer is
// used up the connection reads as dropped, and the receive ends with what
// has come.
class ScriptedTransport final : public Transport {
public:
    ScriptedTransport(const std::uint8_t* data, std::size_t size, std::size_t piece)
        : data_(data), size_(size), piece_(piece) {}
    bool Open(bool) override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    void Purge() override {}
    void SetTransmit(bool) override {}
    std::uint32_t Write(const unsigned char*, std::uint32_t count) override {
        at_ = end_;
        if (size_ - at_ < 2) {
            at_ = end_ = size_;
        } else {
            const std::size_t length = static_cast<std::size_t>(data_[at_]) << 8 | data_[at_ + 1];
            at_ += 2;
            end_ = at_ + std::min(length, size_ - at_);
        }
        return count;
    }
    std::uint32_t Read(unsigned char* buffer, std::uint32_t capacity, std::uint32_t) override {
        const std::size_t n = std::min({piece_, end_ - at_, static_cast<std::size_t>(capacity)});
        std::memcpy(buffer, data_ + at_, n);
        at_ += n;
        return static_cast<std::uint32_t>(n);
    }
    bool Lost() const override { return at_ == end_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t piece_;
    std::size_t at_ = 0;
    std::size_t end_ = 0;
};

// The store: the batches it holds, by raw records.
class MemorySink final : public BatchSink {
public:
    explicit MemorySink(bool withdrawFails) : withdrawFails_(withdrawFails) {}
    bool Store(const FetchedBatch& batch) override {
        ++stores;
        held.push_back(batch.image);
        FUZZ_CHECK(batch.kept.size() <= static_cast<std::size_t>(batch.image.count));
        return true;
    }
    bool Withdraw(const FetchedBatch& batch) override {
        if (withdrawFails_) return false;
        FUZZ_CHECK(!held.empty() && held.back() == batch.image);
        held.pop_back();
        return true;
    }
    int stores = 0;
    std::vector<BatchImage> held;

private:
    bool withdrawFails_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two bytes choose the terminal, the size of the pieces and whether the
    // store can take a batch back; the rest are the terminal's answers.
    if (size < 2 || size > 16 * 1024) return 0;
    const int terminal = data[0];
    const std::size_t piece = 1 + (data[1] & 0x3F) * 8;
    const bool withdrawFails = (data[1] & 0x40) != 0;
    Line line(std::make_unique<ScriptedTransport>(data + 2, size - 2, piece), false);
    line.timing.echoTime = 0;
    line.timing.waitTime = 1;
    line.timing.baud = 0;
    line.timing.tries = 2;
    line.receiveCapacity = Line::kLargestReply;
    MemorySink sink(withdrawFails);

    for (int round = 0; round < 3; ++round) {
        const bool pendingBefore = line.storedUnconfirmed.count(terminal) != 0;
        const BatchImage pendingImage{0, 0, pendingBefore ? line.storedUnconfirmed[terminal] : std::string()};
        const int storesBefore = sink.stores;
        const std::size_t heldBefore = sink.held.size();
        Collected out;
        Collect(line, terminal, sink, "", out);
        const FetchedBatch& b = out.batch;

        if (b.result == 0) {
            // A batch as the reply announced it: at most six raw records,
            // each kept, damaged or unwanted.
            FUZZ_CHECK(b.announced >= 0 && b.announced <= kBatchLimit && b.image.count == b.announced);
            FUZZ_CHECK(b.image.raw.size() == kRawRecordLength * static_cast<std::size_t>(b.image.count));
            FUZZ_CHECK(b.kept.size() == b.keptIndex.size());
            for (std::size_t i = 0; i < b.kept.size(); ++i) {
                const int at = b.keptIndex[i];
                FUZZ_CHECK(at >= 0 && at < b.image.count && b.status[at] == RawStatus::kKept && KeepRecord(b.kept[i]));
                FUZZ_CHECK(VerifyRawRecord(reinterpret_cast<const unsigned char*>(b.image.raw.data()) +
                                           kRawRecordLength * static_cast<std::size_t>(at)));
            }
        }
        // The batch left stored and unconfirmed is never stored again.
        if (pendingBefore && b.result == 0 && SameBatch(terminal, pendingImage, terminal, b.image)) {
            FUZZ_CHECK(sink.stores == storesBefore && out.replayed);
        }
        // What the store holds afterwards: the batch when it was stored or
        // may still be on the terminal; nothing new otherwise.
        if (out.stored) FUZZ_CHECK(out.result == 0 && sink.held.size() == heldBefore + 1);
        if (out.offered && !out.stored && !out.pending) FUZZ_CHECK(sink.held.size() == heldBefore);
        if (out.offered && out.pending) FUZZ_CHECK(sink.held.size() == heldBefore + 1);
        if (!out.offered) FUZZ_CHECK(sink.stores == storesBefore && sink.held.size() == heldBefore);
        if (out.replayed) FUZZ_CHECK(!out.offered && !out.stored);
    }
    return 0;
}
