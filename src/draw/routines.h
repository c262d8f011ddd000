// The five drawing routines, as init registers them.
#pragma once

#include "module/compat.h"

namespace pelmora {

extern PyMethodDef kAxesRoutine;
extern PyMethodDef kViewVolumeRoutine;
extern PyMethodDef kSquareRoutine;
extern PyMethodDef kGrayCubeRoutine;
extern PyMethodDef kColoredCubeRoutine;

}  // namespace pelmora
