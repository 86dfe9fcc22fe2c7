# Fragment of windows.mk: merrowfaldine-ctl.exe, the console tool that gives the driver a
# policy and reads its reports on a Windows server (x64, and x86 for 32-bit servers, where
# the NDIS 6 filter runs), with the Linux tools' policy loader and event formatting.

CTL_WIN_CXX     := x86_64-w64-mingw32-g++
CTL_WIN_CXX_X86 := i686-w64-mingw32-g++
CTL_WIN_INCLUDE := $(OUT)/ctl_win/include
CTL_WIN_FLAGS   := -std=c++17 -O2 -Wall -Wextra -Werror -static -static-libgcc \
                   -static-libstdc++ -Iengine -Ireplay -isystem $(CTL_WIN_INCLUDE)
CTL_WIN_SOURCES := ctl_win/main.cpp replay/policy_file.cpp replay/report_output.cpp engine/text.cpp
CTL_WIN_HEADERS := $(wildcard engine/*.h replay/*.h)

PACKAGE_FILES += $(PACKAGE)/merrowfaldine-ctl.exe $(PACKAGE)/x86/merrowfaldine-ctl.exe

# The JSON library is header-only; only its folder is put on the include path.
$(CTL_WIN_INCLUDE)/nlohmann:
	@mkdir -p $(@D)
	ln -sfn /usr/include/nlohmann $@

$(OUT)/merrowfaldine-ctl.exe: $(CTL_WIN_SOURCES) $(CTL_WIN_HEADERS) | $(CTL_WIN_INCLUDE)/nlohmann
	$(CTL_WIN_CXX) $(CTL_WIN_FLAGS) -o $@ $(CTL_WIN_SOURCES) -lws2_32

$(OUT)/x86/merrowfaldine-ctl.exe: $(CTL_WIN_SOURCES) $(CTL_WIN_HEADERS) | $(CTL_WIN_INCLUDE)/nlohmann
	@mkdir -p $(@D)
	$(CTL_WIN_CXX_X86) $(CTL_WIN_FLAGS) -o $@ $(CTL_WIN_SOURCES) -lws2_32

$(PACKAGE)/merrowfaldine-ctl.exe: $(OUT)/merrowfaldine-ctl.exe
	$(PACKAGE_COPY)

$(PACKAGE)/x86/merrowfaldine-ctl.exe: $(OUT)/x86/merrowfaldine-ctl.exe
	$(PACKAGE_COPY)
