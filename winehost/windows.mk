# Fragment of windows.mk: what runs the shipped drivers under Wine's kernel-driver host.
# OUT/winehost/i386/ndis.sys   NDIS 6 stand-in beside MerrowfaldineLwf.sys (PE32 i386)
# Not part of the package.

WINEHOST_OUT   := $(OUT)/winehost
WINEHOST_FLAGS := -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti \
                  -fno-threadsafe-statics -fno-asynchronous-unwind-tables -Wall -Wextra \
                  -Werror -Wno-multichar -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet \
                  -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
WINEHOST_LINK  := -shared -nostdlib -Wl,--kill-at
WINEHOST_SHIM  := winehost/kernel_shim.cpp winehost/kernel_shim.h

PACKAGE_FILES += $(WINEHOST_OUT)/i386/ndis.sys

$(WINEHOST_OUT)/i386/ndis.sys: winehost/ndis6_standin.cpp $(WINEHOST_SHIM)
	@mkdir -p $(@D)
	i686-w64-mingw32-g++ $(WINEHOST_FLAGS) -isystem /usr/i686-w64-mingw32/include/ddk \
	    $(WINEHOST_LINK) -Wl,--entry,_DllMain@12 -o $@ winehost/ndis6_standin.cpp \
	    winehost/kernel_shim.cpp -lntoskrnl -lhal -lkernel32 -lgcc
