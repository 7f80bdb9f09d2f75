// zelk_flash: sees, compares, writes, resets and dumps the simulated zelk
// chip's memories, and packs firmware image files.

#include "flash_tool/flash_tool.h"

int main(int argc, char** argv) { return run_flash_tool(flash_tool_words(argc, argv)); }
