# The Windows deliverables of the operations tool, built with mingw-w64:
#   make -f tool/windows.mk OUT=/abs/dir
# gives OUT/Quenthorpe.exe (x64, GUI subsystem), OUT/MerrowfaldineCore.dll (the stand-in
# service library) and OUT/test/MerrowfaldineCore.dll (a library without UnInstallService,
# for the tests).

OUT     ?= $(CURDIR)/build/windows
CXX     := x86_64-w64-mingw32-g++
WINDRES := x86_64-w64-mingw32-windres
TOOL    := tool
FLAGS   := -std=c++17 -O2 -Wall -Wextra -Werror -municode -static -static-libgcc -static-libstdc++

TOOL_SOURCES := $(wildcard $(TOOL)/quenthorpe/*.cpp) $(wildcard $(TOOL)/win32/*.cpp)
TOOL_HEADERS := $(wildcard $(TOOL)/quenthorpe/*.h) $(wildcard $(TOOL)/win32/*.h)

.PHONY: all
all: $(OUT)/Quenthorpe.exe $(OUT)/MerrowfaldineCore.dll $(OUT)/test/MerrowfaldineCore.dll

$(OUT)/quenthorpe.res: $(TOOL)/resources/quenthorpe.rc $(TOOL)/resources/quenthorpe.manifest \
                       $(TOOL)/resources/quenthorpe.ico
	@mkdir -p $(OUT)
	$(WINDRES) -I$(TOOL)/resources -O coff $< -o $@

$(OUT)/Quenthorpe.exe: $(TOOL_SOURCES) $(TOOL_HEADERS) $(OUT)/quenthorpe.res
	$(CXX) $(FLAGS) -mwindows -o $@ $(TOOL_SOURCES) $(OUT)/quenthorpe.res \
	    -lole32 -lsetupapi -luuid

$(OUT)/MerrowfaldineCore.dll: $(TOOL)/service_library/merrowfaldine_core.cpp \
                              $(TOOL)/service_library/merrowfaldine_core.def
	@mkdir -p $(OUT)
	$(CXX) $(FLAGS) -shared -o $@ $^

$(OUT)/test/MerrowfaldineCore.dll: $(TOOL)/tests/wine/install_only_library.cpp \
                                   $(TOOL)/tests/wine/install_only_library.def
	@mkdir -p $(OUT)/test
	$(CXX) $(FLAGS) -shared -o $@ $^
