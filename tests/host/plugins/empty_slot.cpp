// A library whose MultiViewDll leaves the slot empty: not a tool.
extern "C" __attribute__((visibility("default"))) int MultiViewDll(void** slot)
{
    (void)slot;
    return 0;
}
