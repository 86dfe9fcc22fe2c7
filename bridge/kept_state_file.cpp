#include "kept_state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "kept_state.h"
#include "records.h"

namespace {

// File layout (host byte order: the file never leaves this machine):
//   header: magic, the sizes of the two records a session and a tree keep, entry count,
//           a reserved word;
//   entries: table, three zero bytes, value length, key low, key high, the value;
//   trailer: FNV-1a (64 bits) of everything before it.
const char Magic[8] = {'M', 'F', 'K', 'E', 'P', 'T', '0', '1'};
const size_t HeaderBytes = 24;
const size_t EntryHeadBytes = 24;
const size_t TrailerBytes = 8;
// No engine holds more: every table has its limit, and the pool its budget.
const size_t MaxStateBytes = 512u * 1024 * 1024;

uint64_t Fnv1a(const uint8_t* bytes, size_t count) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < count; ++i) {
        hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    }
    return hash;
}

template <typename T> void Put(std::vector<uint8_t>* out, T value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out->insert(out->end(), p, p + sizeof value);
}

template <typename T> T Get(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

struct Encoding {
    std::vector<uint8_t>* out;
    uint32_t entries;
};

bool EncodeEntry(void* context, KeptTable table, TableKey key, const uint8_t* value,
                 uint32_t length) {
    auto* e = static_cast<Encoding*>(context);
    Put<uint8_t>(e->out, uint8_t(table));
    Put<uint8_t>(e->out, 0);
    Put<uint16_t>(e->out, 0);
    Put<uint32_t>(e->out, length);
    Put<uint64_t>(e->out, key.KeyLow);
    Put<uint64_t>(e->out, key.KeyHigh);
    e->out->insert(e->out->end(), value, value + length);
    ++e->entries;
    return e->out->size() < MaxStateBytes;
}

struct KeptEntry {
    KeptTable table;
    TableKey key;
    const uint8_t* value;
    uint32_t length;
};

} // namespace

std::vector<uint8_t> EncodeKeptState() {
    std::vector<uint8_t> out(Magic, Magic + sizeof Magic);
    Put<uint32_t>(&out, sizeof(SessionUser));
    Put<uint32_t>(&out, sizeof(TreeRecord));
    Put<uint32_t>(&out, 0); // the entry count, filled in below
    Put<uint32_t>(&out, 0);
    Encoding e{&out, 0};
    VisitKeptState(false, EncodeEntry, &e);
    std::memcpy(out.data() + 16, &e.entries, sizeof e.entries);
    Put<uint64_t>(&out, Fnv1a(out.data(), out.size()));
    return out;
}

bool RestoreKeptState(const std::vector<uint8_t>& bytes, uint32_t* restored, std::string* error) {
    *restored = 0;
    const uint8_t* b = bytes.data();
    if (bytes.size() < HeaderBytes + TrailerBytes || std::memcmp(b, Magic, sizeof Magic) != 0) {
        *error = "not a kept state";
        return false;
    }
    size_t body = bytes.size() - TrailerBytes;
    if (Get<uint64_t>(b + body) != Fnv1a(b, body)) {
        *error = "cut or damaged (checksum)";
        return false;
    }
    if (Get<uint32_t>(b + 8) != sizeof(SessionUser) ||
        Get<uint32_t>(b + 12) != sizeof(TreeRecord)) {
        *error = "written by a guard with other record layouts";
        return false;
    }
    // Every entry is checked before any is stored, so that a bad file changes nothing.
    uint32_t count = Get<uint32_t>(b + 16);
    std::vector<KeptEntry> entries;
    size_t at = HeaderBytes;
    while (at < body) {
        if (body - at < EntryHeadBytes) {
            *error = "an entry is cut";
            return false;
        }
        uint8_t table = b[at];
        uint32_t length = Get<uint32_t>(b + at + 4);
        if (table >= KeptTableCount || length > body - at - EntryHeadBytes) {
            *error = "an entry names no table or runs past the end";
            return false;
        }
        entries.push_back({KeptTable(table),
                           TableKey{Get<uint64_t>(b + at + 8), Get<uint64_t>(b + at + 16)},
                           b + at + EntryHeadBytes, length});
        at += EntryHeadBytes + length;
    }
    if (entries.size() != count) {
        *error = "the entry count does not match";
        return false;
    }
    for (const KeptEntry& e : entries) {
        if (RestoreKeptEntry(false, e.table, e.key, e.value, e.length)) {
            ++*restored;
        }
    }
    return true;
}

KeptStateFile::~KeptStateFile() {
    Stop();
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool KeptStateFile::Open(const std::string& path, std::string* said, std::string* error) {
    path_ = path;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        *error = "state file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "state file " + path + ": not a regular file";
        return false;
    }
    if (st.st_size == 0) {
        *said = "no kept state in " + path + ": starting with none";
        return true;
    }
    if (uint64_t(st.st_size) > MaxStateBytes) {
        *said = "kept state in " + path + " is too large: starting with none";
        return true;
    }
    if (std::time(nullptr) - st.st_mtime > time_t(KeptStateMaxAgeSeconds)) {
        *said = "kept state in " + path + " is older than " +
                std::to_string(KeptStateMaxAgeSeconds) + " s: starting with none";
        return true;
    }
    std::vector<uint8_t> bytes(size_t(st.st_size));
    if (pread(fd_, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) {
        *said = "kept state in " + path + " could not be read: starting with none";
        return true;
    }
    uint32_t restored = 0;
    std::string why;
    if (!RestoreKeptState(bytes, &restored, &why)) {
        *said = "kept state in " + path + " not loaded (" + why + "): starting with none";
        return true;
    }
    *said = "kept state loaded from " + path + ": " + std::to_string(restored) +
            " sessions, trees and open files";
    return true;
}

void KeptStateFile::Start(std::function<void(const std::string&)> say,
                          uint32_t intervalMilliseconds) {
    say_ = std::move(say);
    interval_ = intervalMilliseconds;
    thread_ = std::thread([this] { Run(); });
}

void KeptStateFile::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void KeptStateFile::Run() {
    // Whether anything changed costs one read per table; the tables are copied only then.
    uint32_t seen = KeptStateChanges() + 1;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        bool stop = wake_.wait_for(lock, std::chrono::milliseconds(interval_),
                                   [this] { return stopping_; });
        lock.unlock();
        uint32_t changes = KeptStateChanges();
        if (changes != seen || stop) {
            seen = changes;
            WriteIfChanged();
        }
        lock.lock();
        if (stop) {
            return;
        }
    }
}

void KeptStateFile::WriteIfChanged() {
    std::vector<uint8_t> bytes = EncodeKeptState();
    if (bytes == written_) {
        return;
    }
    // The whole state, then the length: a reader meets either the old state, or a new
    // one whose checksum holds, or a cut one whose checksum fails.
    bool ok = pwrite(fd_, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size()) &&
              ftruncate(fd_, off_t(bytes.size())) == 0;
    if (ok) {
        written_ = std::move(bytes);
        if (failing_ && say_) {
            say_("state file " + path_ + " written again");
        }
        failing_ = false;
    } else if (!failing_) {
        failing_ = true;
        if (say_) {
            say_("state file " + path_ + " cannot be written: " + std::strerror(errno));
        }
    }
}
