// The five drawing routines, as init registers them, and the tables their traceback
// entries are made from.
#pragma once

#include "module/code_objects.h"
#include "module/program.h"

namespace pelmora {

extern PyMethodDef kAxesRoutine;
extern PyMethodDef kViewVolumeRoutine;
extern PyMethodDef kSquareRoutine;
extern PyMethodDef kGrayCubeRoutine;
extern PyMethodDef kColoredCubeRoutine;

extern const Program kAxesProgram;
extern const Program kViewVolumeProgram;
extern const Program kSquareProgram;
extern const Program kGrayCubeProgram;
extern const Program kColoredCubeProgram;
extern const SiteGroup kViewVolumeRefusals;

}  // namespace pelmora
