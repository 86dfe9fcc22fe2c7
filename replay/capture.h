// Reading and writing capture files (pcap and pcapng) through libpcap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

struct CaptureFrame {
    uint64_t number = 0; // from 1, in file order
    int64_t seconds = 0;
    int64_t microseconds = 0;
    uint32_t originalLength = 0;
    std::vector<uint8_t> bytes; // as captured (possibly fewer than originalLength)
};

class CaptureReader {
  public:
    CaptureReader() = default;
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;
    ~CaptureReader();

    // Opens a capture of Ethernet frames; anything else is refused with a message.
    bool Open(const std::string& path, std::string* error);
    // 1: a frame; 0: the end; -1: the file is damaged or cut short (*error says why).
    int Next(CaptureFrame* frame, std::string* error);

    pcap* handle() const { return handle_; }

  private:
    pcap* handle_ = nullptr;
    uint64_t count_ = 0;
};

class CaptureWriter {
  public:
    CaptureWriter() = default;
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;
    ~CaptureWriter();

    // A pcap file with the link type and snapshot length of `source`.
    bool Open(const std::string& path, const CaptureReader& source, std::string* error);
    void Write(const CaptureFrame& frame);
    bool Close(std::string* error);

  private:
    pcap_dumper* dumper_ = nullptr;
};
