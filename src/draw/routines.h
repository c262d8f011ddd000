// The five drawing routines, as init registers them.
#pragma once

#include "module/compat.h"

namespace pelmora {

struct Routine {
    PyMethodDef* definition;
    int line;  // the module-source line a failed registration reports
};

extern PyMethodDef kAxesRoutine;
extern PyMethodDef kViewVolumeRoutine;
extern PyMethodDef kSquareRoutine;
extern PyMethodDef kGrayCubeRoutine;
extern PyMethodDef kColoredCubeRoutine;

}  // namespace pelmora
