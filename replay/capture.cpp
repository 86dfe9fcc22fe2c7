#include "capture.h"

#include <pcap/pcap.h>

CaptureReader::~CaptureReader() {
    if (handle_ != nullptr) {
        pcap_close(handle_);
    }
}

bool CaptureReader::Open(const std::string& path, std::string* error) {
    char message[PCAP_ERRBUF_SIZE] = {};
    handle_ = pcap_open_offline(path.c_str(), message);
    if (handle_ == nullptr) {
        *error = path + ": " + message;
        return false;
    }
    int link = pcap_datalink(handle_);
    if (link != DLT_EN10MB) {
        const char* name = pcap_datalink_val_to_name(link);
        *error = path + ": link type " + (name != nullptr ? name : std::to_string(link)) +
                 " is not Ethernet; only Ethernet captures can be replayed";
        pcap_close(handle_);
        handle_ = nullptr;
        return false;
    }
    return true;
}

int CaptureReader::Next(CaptureFrame* frame, std::string* error) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int result = pcap_next_ex(handle_, &header, &data);
    if (result == PCAP_ERROR_BREAK) {
        return 0;
    }
    if (result != 1) {
        *error = std::string("capture damaged after frame ") + std::to_string(count_) + ": " +
                 pcap_geterr(handle_);
        return -1;
    }
    frame->number = ++count_;
    frame->seconds = header->ts.tv_sec;
    frame->microseconds = header->ts.tv_usec;
    frame->originalLength = header->len;
    frame->bytes.assign(data, data + header->caplen);
    return 1;
}

CaptureWriter::~CaptureWriter() {
    if (dumper_ != nullptr) {
        pcap_dump_close(dumper_);
    }
}

bool CaptureWriter::Open(const std::string& path, const CaptureReader& source, std::string* error) {
    dumper_ = pcap_dump_open(source.handle(), path.c_str());
    if (dumper_ == nullptr) {
        *error = path + ": " + pcap_geterr(source.handle());
        return false;
    }
    return true;
}

void CaptureWriter::Write(const CaptureFrame& frame) {
    pcap_pkthdr header{};
    header.ts.tv_sec = frame.seconds;
    header.ts.tv_usec = frame.microseconds;
    header.caplen = uint32_t(frame.bytes.size());
    header.len = frame.originalLength;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.bytes.data());
}

bool CaptureWriter::Close(std::string* error) {
    if (dumper_ == nullptr) {
        return true;
    }
    bool ok = pcap_dump_flush(dumper_) == 0;
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
    if (!ok) {
        *error = "the output capture could not be written";
    }
    return ok;
}
