#include "records/record_store.h"

#include <cstring>

namespace talvo {
namespace file = platform::file;

namespace {
constexpr char kSignature[] = "CASEDATA";  // with its zero byte: 9 bytes

void PutCount(unsigned char* at, std::int32_t count) {
    const auto v = static_cast<std::uint32_t>(count);
    at[0] = static_cast<unsigned char>(v);
    at[1] = static_cast<unsigned char>(v >> 8);
    at[2] = static_cast<unsigned char>(v >> 16);
    at[3] = static_cast<unsigned char>(v >> 24);
}

std::int32_t GetCount(const unsigned char* at) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
                                     static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24);
}

// A store's header: the signature, and a count that is not negative and
// fits a file of `size` bytes.  A header that counts more records than the
// file holds is not a store: appending behind it would land far beyond the
// records that exist.
bool ValidHeader(const unsigned char* header, std::int64_t size, std::int32_t& count) {
    count = GetCount(header + 12);
    return std::memcmp(header, kSignature, sizeof kSignature) == 0 && count >= 0 &&
           RecordStoreFile::CountFits(count, size);
}

// Reads a store's header over the header of an empty store: a file shorter
// than a header (an empty file) reads as a store without records, for the
// reader as for the writer.  False when the file cannot be read or what it
// holds is no store.
bool ReadHeaderImage(file::Handle f, unsigned char (&header)[RecordStoreFile::kHeaderSize], std::int32_t& count) {
    std::memset(header, 0, sizeof header);
    std::memcpy(header, kSignature, sizeof kSignature);
    if (!file::Seek(f, 0)) return false;
    const long got = file::Read(f, header, sizeof header);
    return got >= 0 && ValidHeader(header, file::Size(f), count);
}
}  // namespace

RecordStoreFile::RecordStoreFile() { ResetImage(); }

RecordStoreFile::~RecordStoreFile() { CloseStore(); }

void RecordStoreFile::ResetImage() {
    std::memset(signature_, 0, sizeof signature_);
    std::memcpy(signature_, kSignature, sizeof kSignature);
    count_ = 0;
}

bool RecordStoreFile::StoreExists(const std::string& path) { return file::Exists(path); }

bool RecordStoreFile::OpenOrCreateStore(const std::string& path) {
    CloseStore();
    file_ = file::OpenOrCreate(path);
    if (!IsOpen()) return false;
    // Under the lock: whether the header is there yet is decided by one
    // writer at a time.  A complete header is never rewritten here, nor is a
    // short file that is not the beginning of a store's header.
    const std::int64_t size = file::Size(file_);
    if (size < 0) {
        CloseStore();
        return false;
    }
    if (size < static_cast<std::int64_t>(kHeaderSize) && ReadHeader() && count_ == 0) {
        // The header goes to disk before any record behind it, so that a
        // process stopped in the middle of the first batch leaves a store.
        if (!WriteHeader() || !Flush()) {
            CloseStore();
            return false;
        }
    }
    ResetImage();
    return true;
}

bool RecordStoreFile::OpenStore(const std::string& path) {
    CloseStore();
    file_ = file::OpenExisting(path);
    return IsOpen();
}

bool RecordStoreFile::ReadHeader() {
    ResetImage();
    unsigned char header[kHeaderSize];
    const bool valid = ReadHeaderImage(file_, header, count_);
    std::memcpy(signature_, header, sizeof signature_);
    return valid;
}

bool RecordStoreFile::CountFits(std::int64_t count, std::int64_t size) {
    if (count == 0) return true;
    return size >= 0 && kHeaderSize + static_cast<std::int64_t>(sizeof(TransactionRecord)) * count <= size;
}

bool RecordStoreReader::Open(const std::string& path) {
    Close();
    file_ = file::OpenRead(path);
    if (file_ == file::kNoFile) return false;
    unsigned char header[RecordStoreFile::kHeaderSize];
    std::int32_t count = 0;
    if (!ReadHeaderImage(file_, header, count)) {
        Close();
        return false;
    }
    count_ = count;
    return true;
}

std::size_t RecordStoreReader::Read(std::size_t index, TransactionRecord* out, std::size_t max) {
    if (file_ == file::kNoFile || index >= count_) return 0;
    const std::size_t n = max < count_ - index ? max : count_ - index;
    const std::int64_t at = RecordStoreFile::kHeaderSize + static_cast<std::int64_t>(sizeof(TransactionRecord) * index);
    if (n == 0 || !file::Seek(file_, at)) return 0;
    const long got = file::Read(file_, out, sizeof(TransactionRecord) * n);
    return got < 0 ? 0 : static_cast<std::size_t>(got) / sizeof(TransactionRecord);
}

void RecordStoreReader::Close() {
    if (file_ != file::kNoFile) file::Close(file_);
    file_ = file::kNoFile;
    count_ = 0;
}

bool RecordStoreFile::WriteHeader() {
    unsigned char header[kHeaderSize];
    std::memcpy(header, signature_, sizeof signature_);
    PutCount(header + 12, count_);
    return file::Seek(file_, 0) && file::Write(file_, header, kHeaderSize);
}

bool RecordStoreFile::AppendRecords(const TransactionRecord* records, std::uint32_t k) {
    if (k == 0) return true;
    const std::int64_t at = kHeaderSize + static_cast<std::int64_t>(sizeof(TransactionRecord)) * count_;
    return file::Seek(file_, at) && file::Write(file_, records, sizeof(TransactionRecord) * k);
}

bool RecordStoreFile::Flush() { return file::Flush(file_); }

bool RecordStoreFile::Withdraw(std::int32_t count) {
    count_ = count;
    return WriteHeader() && Flush();
}

void RecordStoreFile::CloseStore() {
    if (IsOpen()) file::Close(file_);
    file_ = file::kNoFile;
}

}  // namespace talvo
