#include "window/MessageBoxes.h"

namespace {
class ModalBoxes : public MessageBoxes
{
public:
    QMessageBox::StandardButton question(QWidget *parent, const QString &title, const QString &text,
                                         QMessageBox::StandardButtons buttons) override
    {
        return QMessageBox::question(parent, title, text, buttons, QMessageBox::NoButton);
    }
};
}

MessageBoxes *MessageBoxes::standard()
{
    static ModalBoxes boxes;
    return &boxes;
}
