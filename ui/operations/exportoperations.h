#pragma once
// Messages out of the program: into a TXT, DOC, CSV file or a PDF or HTML
// folder the user names, or onto paper through the print preview.
#include <QList>

class OperationContext;
struct _MsgMessage;

class ExportOperations
{
public:
    explicit ExportOperations(const OperationContext &context) : context(context) {}

    // Asks for the file and its format, then writes messages in the list's
    // order. The records stay owned by their store, which the caller holds.
    void exportToFile(QList<_MsgMessage *> *messages);
    // The print preview of messages (or the tests' print hook).
    void print(QList<_MsgMessage *> *messages);

private:
    const OperationContext &context;
};
