#pragma once

#include <QMessageBox>

// The questions the window asks the operator go through here, so that a test can answer
// them without a human.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    virtual QMessageBox::StandardButton question(QWidget *parent, const QString &title,
                                                 const QString &text,
                                                 QMessageBox::StandardButtons buttons) = 0;

    // Real modal message boxes.
    static MessageBoxes *standard();
};
