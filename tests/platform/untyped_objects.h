// Objects as a library built without C++ type information makes them (the
// web engine's is built so). Qt hands such objects to our factories,
// filters and accessibility interfaces like any other; our code may compare
// their addresses and pass them on, but a cast or a member call on one
// faults or stops the sanitizer build. Made and freed here, in a file
// compiled without type information, so that no test code touches them.
#pragma once

class QAccessibleInterface;
class QEvent;
class QObject;
class QWidget;

namespace untyped {

// A plain widget subclass, as the engine's render widgets are.
QWidget* MakeWidget(QWidget* parent);
// An accessibility interface for `object`, as the engine gives its pages.
QAccessibleInterface* MakeInterface(QObject* object);
void FreeInterface(QAccessibleInterface* iface);
// An event of a kind of its own, as the engine sends its objects.
QEvent* MakeEvent();
void FreeEvent(QEvent* e);

}  // namespace untyped
