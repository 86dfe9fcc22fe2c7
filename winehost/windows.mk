# Fragment of windows.mk: what runs the filter under Wine's kernel-driver host.
# OUT/winehost/i386/ndis.sys                 NDIS 6 stand-in beside MerrowfaldineLwf.sys (PE32 i386)
# OUT/winehost/x64/ndis.sys                  the same stand-in for x64
# OUT/winehost/x64/MerrowfaldineLwf.sys      the filter's sources built for x64, so that the
#                                            stand-in and the control path also run where
#                                            the machine cannot run 32-bit programs
# Not part of the package.

WINEHOST_OUT   := $(OUT)/winehost
WINEHOST_FLAGS := -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti \
                  -fno-threadsafe-statics -fno-asynchronous-unwind-tables -Wall -Wextra \
                  -Werror -Wno-multichar -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet \
                  -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
WINEHOST_LINK  := -shared -nostdlib -Wl,--kill-at
WINEHOST_SHIM  := winehost/kernel_shim.cpp winehost/kernel_shim.h winehost/standin_feed.cpp \
                  winehost/standin_feed.h
WINEHOST_LIBS  := -lntoskrnl -lhal -lkernel32 -lgcc
WINEHOST_X64   := x86_64-w64-mingw32-g++
WINEHOST_X64_OUT := $(WINEHOST_OUT)/x64

PACKAGE_FILES += $(WINEHOST_OUT)/i386/ndis.sys $(WINEHOST_X64_OUT)/ndis.sys \
                 $(WINEHOST_X64_OUT)/MerrowfaldineLwf.sys

# Both stand-ins classify frames with the engine's own parser.
WINEHOST_PARSER := engine/frame_parse.cpp engine/frame_view.h engine/wire.h
WINEHOST_LWF_STANDIN := winehost/ndis6_standin.cpp winehost/kernel_shim.cpp \
                        winehost/standin_feed.cpp engine/frame_parse.cpp
WINEHOST_LWF_DEPENDS := $(WINEHOST_SHIM) $(WINEHOST_PARSER) platform/ndis6.h \
                        platform/ndis_common.h platform/km_io.h

$(WINEHOST_OUT)/i386/ndis.sys: winehost/ndis6_standin.cpp $(WINEHOST_LWF_DEPENDS)
	@mkdir -p $(@D)
	i686-w64-mingw32-g++ $(WINEHOST_FLAGS) -isystem /usr/i686-w64-mingw32/include/ddk \
	    $(WINEHOST_LINK) -Wl,--entry,_DllMain@12 -o $@ $(WINEHOST_LWF_STANDIN) $(WINEHOST_LIBS)

$(WINEHOST_X64_OUT)/ndis.sys: winehost/ndis6_standin.cpp $(WINEHOST_LWF_DEPENDS)
	@mkdir -p $(@D)
	$(WINEHOST_X64) $(WINEHOST_FLAGS) -isystem /usr/x86_64-w64-mingw32/include/ddk \
	    $(WINEHOST_LINK) -Wl,--entry,DllMain -o $@ $(WINEHOST_LWF_STANDIN) $(WINEHOST_LIBS)

# The filter's objects for x64, with the flags of the filter plus what x64 kernel code needs.
WINEHOST_LWF_FLAGS   := $(filter-out -isystem /usr/i686-w64-mingw32/include/ddk,$(LWF_FLAGS)) \
                        -fno-stack-protector -mno-red-zone \
                        -isystem /usr/x86_64-w64-mingw32/include/ddk
WINEHOST_LWF_OBJECTS := $(patsubst %.cpp,$(WINEHOST_X64_OUT)/obj/%.o,$(LWF_SOURCES))

$(WINEHOST_X64_OUT)/obj/%.o: %.cpp $(LWF_HEADERS)
	@mkdir -p $(@D)
	$(WINEHOST_X64) $(WINEHOST_LWF_FLAGS) -c $< -o $@

$(WINEHOST_X64_OUT)/MerrowfaldineLwf.sys: $(WINEHOST_LWF_OBJECTS)
	$(WINEHOST_X64) $(subst _DriverEntry@8,DriverEntry,$(LWF_LINK)) -o $@ \
	    $(WINEHOST_LWF_OBJECTS) -lndis -lntoskrnl -lhal -lgcc

# OUT/winehost/x64/im/ndis.sys: the NDIS 5 stand-in beside MerrowfaldineIm.sys (PE32+ x64);
# its own folder, since both stand-ins are named ndis.sys.
WINEHOST_IM_OUT := $(WINEHOST_X64_OUT)/im

PACKAGE_FILES += $(WINEHOST_IM_OUT)/ndis.sys

WINEHOST_IM_SOURCES := winehost/ndis5_standin.cpp winehost/kernel_shim.cpp \
                       winehost/standin_feed.cpp engine/frame_parse.cpp

$(WINEHOST_IM_OUT)/ndis.sys: $(WINEHOST_IM_SOURCES) $(WINEHOST_SHIM) $(WINEHOST_PARSER) \
                             platform/ndis5.h platform/ndis_common.h platform/km_io.h
	@mkdir -p $(@D)
	$(WINEHOST_X64) $(WINEHOST_FLAGS) -isystem /usr/x86_64-w64-mingw32/include/ddk \
	    $(WINEHOST_LINK) -Wl,--entry,DllMain -o $@ $(WINEHOST_IM_SOURCES) $(WINEHOST_LIBS)
