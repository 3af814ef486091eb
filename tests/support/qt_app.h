// The one application object of a Qt test program (made on first use,
// kept to the end). Header only: test_support itself does not link Qt.
#pragma once

#include "platform/qt/qtdialogs.h"

namespace testsupport {

inline QApplication& QtApp() {
  static int argc = 1;
  static char arg0[] = "sitetools-test";
  static char* argv[] = {arg0, nullptr};
  // Before the application: the embedded browser shares OpenGL contexts.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  static plat::TApplication* app = new plat::TApplication(argc, argv);
  return *app;
}

}  // namespace testsupport
