// Conversions between UTF-16 and the thread's ANSI code page.
#pragma once

#include <string>

std::string ToThreadAnsi(const std::wstring& text);
std::wstring FromThreadAnsi(const std::string& bytes);
std::wstring ExecutablePath();
