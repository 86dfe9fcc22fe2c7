# Fragment of windows.mk: the operations tool, built with mingw-w64.
# OUT/Quenthorpe.exe (x64, GUI subsystem), OUT/MerrowfaldineCore.dll (the stand-in service
# library) and OUT/test/MerrowfaldineCore.dll (a library without UnInstallService, for the
# tests); the first two go into the package.

TOOL_CXX     := x86_64-w64-mingw32-g++
TOOL_WINDRES := x86_64-w64-mingw32-windres
TOOL_DIR     := tool
TOOL_FLAGS   := -std=c++17 -O2 -Wall -Wextra -Werror -municode -static -static-libgcc \
                -static-libstdc++

TOOL_SOURCES := $(wildcard $(TOOL_DIR)/quenthorpe/*.cpp) $(wildcard $(TOOL_DIR)/win32/*.cpp)
TOOL_HEADERS := $(wildcard $(TOOL_DIR)/quenthorpe/*.h) $(wildcard $(TOOL_DIR)/win32/*.h)

PACKAGE_FILES += $(PACKAGE)/Quenthorpe.exe $(PACKAGE)/MerrowfaldineCore.dll \
                 $(OUT)/test/MerrowfaldineCore.dll

$(OUT)/quenthorpe.res: $(TOOL_DIR)/resources/quenthorpe.rc \
                       $(TOOL_DIR)/resources/quenthorpe.manifest \
                       $(TOOL_DIR)/resources/quenthorpe.ico
	@mkdir -p $(OUT)
	$(TOOL_WINDRES) -I$(TOOL_DIR)/resources -O coff $< -o $@

$(OUT)/Quenthorpe.exe: $(TOOL_SOURCES) $(TOOL_HEADERS) $(OUT)/quenthorpe.res
	$(TOOL_CXX) $(TOOL_FLAGS) -mwindows -o $@ $(TOOL_SOURCES) $(OUT)/quenthorpe.res \
	    -lole32 -lsetupapi -luuid

$(OUT)/MerrowfaldineCore.dll: $(TOOL_DIR)/service_library/merrowfaldine_core.cpp \
                              $(TOOL_DIR)/service_library/merrowfaldine_core.def
	@mkdir -p $(OUT)
	$(TOOL_CXX) $(TOOL_FLAGS) -shared -o $@ $^

$(OUT)/test/MerrowfaldineCore.dll: $(TOOL_DIR)/tests/wine/install_only_library.cpp \
                                   $(TOOL_DIR)/tests/wine/install_only_library.def
	@mkdir -p $(OUT)/test
	$(TOOL_CXX) $(TOOL_FLAGS) -shared -o $@ $^

$(PACKAGE)/Quenthorpe.exe: $(OUT)/Quenthorpe.exe
	$(PACKAGE_COPY)

$(PACKAGE)/MerrowfaldineCore.dll: $(OUT)/MerrowfaldineCore.dll
	$(PACKAGE_COPY)
