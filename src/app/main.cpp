// tandrel: the desktop program.
#include "app/CtandrelApp.h"

int main(int argc, char** argv) {
  CtandrelApp app;
  return app.Run(argc, argv);
}
