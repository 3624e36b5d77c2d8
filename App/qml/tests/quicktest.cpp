// Runs the Qt Quick tests against the real QML documents of the program's resources, with the
// settings and the stand-in facades of standins.h.
#include "standins.h"

#include <QtQuickTest/quicktest.h>

QUICK_TEST_MAIN_WITH_SETUP(qml, StandInSetup)
