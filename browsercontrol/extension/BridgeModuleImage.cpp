// The extension module's bytes inside the runtime, between two symbols the
// bridge host reads (see BridgeHost.cpp).

asm(".section .rodata\n"
    ".balign 16\n"
    ".globl FolivantBridgeModule\n"
    "FolivantBridgeModule:\n"
    ".incbin \"" FOLIVANT_BRIDGE_MODULE "\"\n"
    ".globl FolivantBridgeModuleEnd\n"
    "FolivantBridgeModuleEnd:\n"
    ".byte 0\n"
    ".previous\n");
