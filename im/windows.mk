# Fragment of windows.mk: the NDIS 5 intermediate driver as an x64 kernel driver (PE32+,
# native subsystem, DriverEntry as entry, no C runtime) with its two INF files, in
# $(PACKAGE)/driver/v1/.

IM_CXX   := x86_64-w64-mingw32-g++
IM_OBJ   := $(OUT)/obj/im
IM_FLAGS := -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics \
            -fno-asynchronous-unwind-tables -fno-stack-protector -mno-red-zone -nostdlib \
            -Wall -Wextra -Werror -Wno-multichar -Wframe-larger-than=2048 \
            -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet \
            -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset \
            -isystem /usr/x86_64-w64-mingw32/include/ddk -Iplatform
IM_LDFLAGS := -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,DriverEntry \
              -Wl,--exclude-all-symbols \
              -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 \
              -Wl,--section-alignment,0x1000 -Wl,--dynamicbase -Wl,--nxcompat
IM_LIBS  := -lndis -lntoskrnl -lhal

IM_SOURCES := $(wildcard im/*.cpp) $(wildcard engine/*.cpp) platform/win/km_win.cpp \
              platform/win/km_io_win.cpp
IM_HEADERS := $(wildcard im/*.h engine/*.h platform/*.h)
IM_OBJECTS := $(patsubst %.cpp,$(IM_OBJ)/%.o,$(IM_SOURCES))
IM_PACKAGE := $(PACKAGE)/driver/v1

PACKAGE_FILES += $(IM_PACKAGE)/MerrowfaldineIm.sys $(IM_PACKAGE)/Merrowfaldine.inf \
                 $(IM_PACKAGE)/Merrowfaldine_m.inf

$(IM_OBJ)/%.o: %.cpp $(IM_HEADERS)
	@mkdir -p $(@D)
	$(IM_CXX) $(IM_FLAGS) -c $< -o $@

$(OUT)/MerrowfaldineIm.sys: $(IM_OBJECTS)
	$(IM_CXX) $(IM_FLAGS) $(IM_LDFLAGS) -o $@ $(IM_OBJECTS) $(IM_LIBS)

$(IM_PACKAGE)/MerrowfaldineIm.sys: $(OUT)/MerrowfaldineIm.sys
	$(PACKAGE_COPY)

$(IM_PACKAGE)/%.inf: im/inf/%.inf
	$(PACKAGE_COPY)
