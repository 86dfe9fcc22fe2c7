# The Windows deliverables as PE files, built with mingw-w64 and laid out as the package
# that ships beside the installer:
#   make -f windows.mk OUT=/abs/dir
# OUT/package/
#   Quenthorpe.exe, MerrowfaldineCore.dll     the operations tool and the service library
#   driver/v2/                                the NDIS 6 filter (x86) and its INF
#   driver/v1/                                the NDIS 5 intermediate driver (x64), two INFs
# Every part has its own fragment, <folder>/windows.mk, included below: it builds its files
# under OUT and adds the package's copies to PACKAGE_FILES (copying with PACKAGE_COPY).
# Fragments prefix their variables with their folder's name.

OUT     ?= $(CURDIR)/build/windows
PACKAGE := $(OUT)/package
PACKAGE_FILES :=

.PHONY: all package
all: package

# $(call PACKAGE_COPY) as a recipe: copy the first prerequisite to the target.
PACKAGE_COPY = @mkdir -p $(@D) && cp $< $@

include $(sort $(wildcard */windows.mk))

package: $(PACKAGE_FILES)
