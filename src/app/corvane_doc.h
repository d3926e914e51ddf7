#pragma once

#include "core/operator.h"
#include "core/places.h"
#include "image/program_document.h"

#include <QString>

namespace velmora::app {

// The one document: the program to be written, loaded from a .mot file. It
// stores nothing: the save command writes nothing, ever.
class CCorvaneDoc {
public:
    CCorvaneDoc(Operator& op, Places places) : document(op, std::move(places)) {}

    // A new, empty document titled "Default"; dataReady 0. Returns 1.
    int onNewDocument() { return document.onNewDocument(); }
    // The whole load of the file; 1 when tmp.bin is written, 0 after the
    // failing step's messages (the document then stays as it was).
    int onOpenDocument(const QString& path) { return document.onOpenDocument(path.toStdString()); }
    // The save command: there is nothing to store, and the loaded file is
    // never overwritten.
    void onFileSave() {}

    QString title() const { return QString::fromStdString(document.title()); }
    QString pathName() const { return QString::fromStdString(document.path()); }
    ProgramDocument& program() { return document; }

    // The commands the document has handlers for.
    static bool handlesCommand(int command);

private:
    ProgramDocument document;
};

} // namespace velmora::app
