#pragma once

#include "window/MessageBoxes.h"

#include <QStringList>

// Answers every question with the next of the given answers (No when they run out) and
// writes down what was asked.
class FakeBoxes : public MessageBoxes
{
public:
    QList<QMessageBox::StandardButton> answers;
    QStringList asked; // "title|text"

    QMessageBox::StandardButton question(QWidget *, const QString &title, const QString &text,
                                         QMessageBox::StandardButtons) override
    {
        asked << title + "|" + text;
        return answers.isEmpty() ? QMessageBox::No : answers.takeFirst();
    }
};
