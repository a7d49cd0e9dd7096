#pragma once
// The one shape of every place that writes a stream of messages somewhere: a
// local message database, an Android phone's cache database, or an export
// file. The caller drives a writer as begin(), write() once per message in the
// order it wants them written, then end(). A caller that fails between begin()
// and end() destroys the writer without calling end().
//
// Errors leave the operations as exceptions derived from std::exception
// (std::runtime_error with a UTF-8 text).

template <typename T>
class AbsFormatExport
{
public:
    // Releases the target; does not call end(), so nothing half-written is
    // committed or flushed by destruction alone.
    virtual ~AbsFormatExport() = default;

    // Opens the target and writes whatever precedes the first item.
    virtual void begin() = 0;
    // Writes one item. The writer keeps no reference to it after the call.
    virtual void write(const T &item) = 0;
    // Writes whatever follows the last item, flushes or commits, and closes.
    virtual void end() = 0;

protected:
    AbsFormatExport() = default;
    AbsFormatExport(const AbsFormatExport &) = default;
    AbsFormatExport &operator=(const AbsFormatExport &) = default;
};
