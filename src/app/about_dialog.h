#pragma once

#include <QDialog>

namespace velmora::app {

// The about box: the application icon and an OK button that closes it.
class CAboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDialog(QWidget* owner = nullptr);
};

} // namespace velmora::app
