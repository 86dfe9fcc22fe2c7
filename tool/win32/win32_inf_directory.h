// The Windows INF directory, for the clean-up of stale OEM INF copies.
#pragma once

#include "../quenthorpe/oem_inf_purge.h"

class Win32InfDirectory : public InfDirectory {
  public:
    std::wstring Path() override;
    bool FindInfFiles(std::vector<std::wstring>* names) override;
    bool MapFile(const std::wstring& path, std::string* bytes) override;
    bool RemoveFile(const std::wstring& path) override;
    std::string ToAnsi(const std::wstring& text) override;
};
