# Fragment of windows.mk: the NDIS 6 filter driver MerrowfaldineLwf.sys (x86), built from
# the engine, the Windows platform layer and lwf/ as kernel code (no C runtime, native
# subsystem, DriverEntry as entry point), with its INF, into the package's driver/v2/.

LWF_CXX   := i686-w64-mingw32-g++
LWF_OUT   := $(OUT)/lwf
LWF_FLAGS := -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics \
             -fno-asynchronous-unwind-tables -nostdlib -Wall -Wextra -Werror -Wno-multichar \
             -Wframe-larger-than=2048 -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet \
             -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset \
             -isystem /usr/i686-w64-mingw32/include/ddk
LWF_LINK  := -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 \
             -Wl,--exclude-all-symbols -Wl,--image-base,0x10000 -Wl,--dynamicbase \
             -Wl,--nxcompat -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
LWF_SOURCES := $(wildcard engine/*.cpp) $(wildcard platform/win/*.cpp) $(wildcard lwf/*.cpp)
LWF_HEADERS := $(wildcard engine/*.h) $(wildcard platform/*.h) $(wildcard lwf/*.h)
LWF_OBJECTS := $(patsubst %.cpp,$(LWF_OUT)/%.o,$(LWF_SOURCES))

PACKAGE_FILES += $(PACKAGE)/driver/v2/MerrowfaldineLwf.sys $(PACKAGE)/driver/v2/Merrowfaldine.inf

$(LWF_OUT)/%.o: %.cpp $(LWF_HEADERS)
	@mkdir -p $(@D)
	$(LWF_CXX) $(LWF_FLAGS) -c $< -o $@

# libgcc only for the 64-bit arithmetic helpers; ntoskrnl provides memcpy and friends.
$(OUT)/MerrowfaldineLwf.sys: $(LWF_OBJECTS)
	$(LWF_CXX) $(LWF_LINK) -o $@ $(LWF_OBJECTS) -lndis -lntoskrnl -lhal -lgcc

$(PACKAGE)/driver/v2/MerrowfaldineLwf.sys: $(OUT)/MerrowfaldineLwf.sys
	$(PACKAGE_COPY)

$(PACKAGE)/driver/v2/Merrowfaldine.inf: lwf/Merrowfaldine.inf
	$(PACKAGE_COPY)
