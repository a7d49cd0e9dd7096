#pragma once
// The caches of the data folder: what the program read from a phone, an
// iTunes backup or an Android phone, and the temporary backup of a transfer.
// They are made again whenever needed, so the user may look into a phone's
// or empty them all.
class OperationContext;

class CacheFolders
{
public:
    explicit CacheFolders(const OperationContext &context) : context(context) {}

    // Opens the cache folder of the current phone in the file manager.
    void openCurrent();
    // Removes every cache, even after one that cannot go; the box names the
    // first thing that stayed.
    static void clearAll();

private:
    const OperationContext &context;
};
