#include "desktop/artwork_sources.h"

#include <QFile>

namespace velmora::desktop::sources {

QByteArray read(const char* resourcePath) {
    QFile file(QString::fromLatin1(resourcePath));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

} // namespace velmora::desktop::sources
