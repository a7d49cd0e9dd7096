// Stands in for the maker's Windows driver helper, which the device monitor
// runs when adb's server did not come up. Linux needs no driver for adb, so
// there is nothing to do.
int main()
{
    return 0;
}
