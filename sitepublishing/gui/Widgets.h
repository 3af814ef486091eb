// Small builders the publishing windows share.
#pragma once

#include <QHBoxLayout>
#include <QLabel>
#include <QObject>
#include <QString>
#include <QStyle>
#include <QToolButton>
#include <utility>

#include "platform/qt/panel.h"
#include "platform/ui/dialogs.h"

namespace gui {

// Gives the widget its component name (tests and placement find it by it).
template <class W>
W* Named(W* w, const char* name) {
  w->setObjectName(QString::fromLatin1(name));
  return w;
}

// Runs fn on the sender's signal (its arguments unused) while context
// lives; an error fn raises goes to the error box, not into Qt's loop.
template <class Sender, class Signal, class Fn>
void Bind(QObject* context, Sender* sender, Signal signal, Fn fn) {
  QObject::connect(sender, signal, context, [fn = std::move(fn)](auto&&...) { plat::Safely(fn); });
}

// The "Select Directory" button beside a path field.
inline QToolButton* ChooseDirButton(QWidget* parent) {
  auto* b = Named(new QToolButton(parent), "sbChooseDir");
  b->setAutoRaise(true);
  b->setIcon(parent->style()->standardIcon(QStyle::SP_DirIcon));
  b->setToolTip(QStringLiteral("Select Directory"));
  b->setAccessibleName(QStringLiteral("Select Directory"));
  return b;
}

// A status band of the given height holding one label, empty at first.
inline plat::TPanel* StatusPanel(QWidget* parent, const char* name, int height, QLabel*& label) {
  auto* panel = Named(new plat::TPanel(QString(), parent), name);
  panel->setFixedHeight(height);
  label = Named(new QLabel(panel), "lblStatus");
  auto* layout = new QHBoxLayout(panel);
  layout->setContentsMargins(4, 0, 4, 0);
  layout->addWidget(label);
  return panel;
}

}  // namespace gui
