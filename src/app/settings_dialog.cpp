#include "app/settings_dialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace velmora::app {

SettingsDialog::SettingsDialog(const QString& bootDir, const QString& defaultBootDir,
                               QWidget* owner)
    : QDialog(owner) {
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(QStringLiteral("Settings - Velmora"));
    edit = new QLineEdit(bootDir, this);
    edit->setPlaceholderText(defaultBootDir);
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 48);
    auto* browse = new QPushButton(QStringLiteral("&Browse..."), this);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(
            this, QStringLiteral("Boot files folder"),
            edit->text().isEmpty() ? edit->placeholderText() : edit->text());
        if (!chosen.isEmpty()) {
            edit->setText(chosen);
        }
    });
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(browse);

    auto* label = new QLabel(QStringLiteral("Boot &files folder:"), this);
    label->setBuddy(edit);
    auto* note = new QLabel(
        QStringLiteral("Holds 3062f.bin and PreFlash.bin for Flash Action Setting (key B).\n"
                       "Left empty: %1")
            .arg(defaultBootDir),
        this);
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* form = new QFormLayout(this);
    form->addRow(label, row);
    form->addRow(QString(), note);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

QString SettingsDialog::bootDir() const {
    return edit->text().trimmed();
}

} // namespace velmora::app
