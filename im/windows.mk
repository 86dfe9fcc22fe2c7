# The NDIS 5 intermediate driver as an x64 kernel driver, with its two INF files:
#   make -f im/windows.mk OUT=/abs/dir
# gives OUT/driver/v1/MerrowfaldineIm.sys, Merrowfaldine.inf and Merrowfaldine_m.inf.

OUT     ?= $(CURDIR)/build/windows
DIR     := $(OUT)/driver/v1
OBJ     := $(OUT)/obj/im
CXX     := x86_64-w64-mingw32-g++
FLAGS   := -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics \
           -fno-asynchronous-unwind-tables -fno-stack-protector -mno-red-zone -nostdlib \
           -Wall -Wextra -Werror -Wno-multichar -Wframe-larger-than=2048 \
           -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet \
           -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
DDK     := -isystem /usr/x86_64-w64-mingw32/include/ddk
LDFLAGS := -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,DriverEntry \
           -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 \
           -Wl,--dynamicbase -Wl,--nxcompat
LIBS    := -lndis -lntoskrnl -lhal

HOST_SOURCES   := $(wildcard im/*.cpp)
ENGINE_SOURCES := $(wildcard engine/*.cpp)
HEADERS        := $(wildcard im/*.h engine/*.h platform/*.h)
OBJECTS := $(patsubst im/%.cpp,$(OBJ)/im_%.o,$(HOST_SOURCES)) \
           $(patsubst engine/%.cpp,$(OBJ)/engine_%.o,$(ENGINE_SOURCES)) $(OBJ)/km_win.o

.PHONY: all
all: $(DIR)/MerrowfaldineIm.sys $(DIR)/Merrowfaldine.inf $(DIR)/Merrowfaldine_m.inf

$(OBJ)/im_%.o: im/%.cpp $(HEADERS)
	@mkdir -p $(OBJ)
	$(CXX) $(FLAGS) -c $< -o $@

$(OBJ)/engine_%.o: engine/%.cpp $(HEADERS)
	@mkdir -p $(OBJ)
	$(CXX) $(FLAGS) -c $< -o $@

$(OBJ)/km_win.o: platform/win/km_win.cpp platform/km.h
	@mkdir -p $(OBJ)
	$(CXX) $(FLAGS) $(DDK) -c $< -o $@

$(DIR)/MerrowfaldineIm.sys: $(OBJECTS)
	@mkdir -p $(DIR)
	$(CXX) $(FLAGS) $(LDFLAGS) -o $@ $(OBJECTS) $(LIBS)

$(DIR)/%.inf: im/inf/%.inf
	@mkdir -p $(DIR)
	cp $< $@
