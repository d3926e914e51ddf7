#pragma once

#include <QDialog>

class QLineEdit;

namespace velmora::app {

// The settings the window offers: the folder the boot program (3062f.bin)
// and PreFlash.bin are read from. Left empty, the default folder is used
// ($VELMORA_BOOT_DIR, else the install's).
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(const QString& bootDir, const QString& defaultBootDir, QWidget* owner);

    // The folder chosen; empty for the default.
    QString bootDir() const;
    QLineEdit* bootDirEdit() const { return edit; }

private:
    QLineEdit* edit = nullptr;
};

} // namespace velmora::app
