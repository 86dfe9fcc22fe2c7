// The tool's command line: switches name actions, run one after the other in the order
// given. Nothing is reported and the exit code is always 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The actions a switch can start; each returns its own 32-bit result, which the dispatcher
// discards.
class ToolActions {
  public:
    virtual ~ToolActions() = default;
    virtual int32_t SetupFilterDriver(bool install) = 0;
    virtual int32_t SetupCoreService(bool install) = 0;
    virtual int32_t GenerateFileList(const std::wstring& base, const std::wstring& subdirectory,
                                     const std::wstring& listFile) = 0;
    virtual int32_t DeleteFileList(const std::wstring& listFile) = 0;
};

// `arguments` is the whole argument vector; argument 0 (the program) is never examined.
// Returns the process exit code.
int DispatchArguments(const std::vector<std::wstring>& arguments, ToolActions& actions);
