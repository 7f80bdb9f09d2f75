# Cross-compiling for a Cortex-M3 without a C library, as the check
# firmware is built.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-m3 -mthumb -ffreestanding -fno-tree-loop-distribute-patterns")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -Wl,--build-id=none")
