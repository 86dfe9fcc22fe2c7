// The engine's sessions, trees and open files kept in a file while the guard runs, and
// given back to the engine when the next guard starts: a guard restarted by hand, by the
// service manager or after a crash keeps guarding the sessions that began before it.
//
// A thread of its own looks every few milliseconds whether the engine's tables changed
// (one read per table) and writes the file when they did, over one descriptor opened
// before privileges are dropped. The file ends in a checksum, so a
// file cut by a crash in the middle of a write is refused whole, never half loaded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What the engine keeps, as the file holds it.
std::vector<uint8_t> EncodeKeptState();
// Gives the entries of `bytes` to the engine. False (nothing restored) when the bytes are
// not a whole kept state of this build; *restored counts the entries taken.
bool RestoreKeptState(const std::vector<uint8_t>& bytes, uint32_t* restored, std::string* error);

// A state written longer ago than this belongs to connections long gone: not loaded.
const uint32_t KeptStateMaxAgeSeconds = 600;

class KeptStateFile {
  public:
    KeptStateFile() = default;
    KeptStateFile(const KeptStateFile&) = delete;
    KeptStateFile& operator=(const KeptStateFile&) = delete;
    ~KeptStateFile();

    // Opens (creating it, mode 0600) the file at `path` and loads what it holds into the
    // started engine. *said tells what was loaded, or why nothing was.
    bool Open(const std::string& path, std::string* said, std::string* error);
    // Starts the writer thread, which looks for changes every `intervalMilliseconds`;
    // `say` reports a failing write once, and its recovery.
    void Start(std::function<void(const std::string&)> say, uint32_t intervalMilliseconds);
    // Writes once more and stops the thread.
    void Stop();

  private:
    void Run();
    void WriteIfChanged();
    int fd_ = -1;
    std::string path_;
    std::vector<uint8_t> written_;
    std::function<void(const std::string&)> say_;
    uint32_t interval_ = 1000;
    bool failing_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};
