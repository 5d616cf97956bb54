// The synth's own declarations of FluidSynth's calls, compiled beside FluidSynth's header:
// a call declared otherwise does not compile.
#include <fluidsynth.h>

#include "synth/fluid.h"

static_assert(FLUIDLOG_PANIC == FLUID_PANIC && FLUIDLOG_ERR == FLUID_ERR &&
              FLUIDLOG_WARN == FLUID_WARN && FLUIDLOG_INFO == FLUID_INFO &&
              FLUIDLOG_DBG == FLUID_DBG);
static_assert(FLUIDOK == FLUID_OK && FLUIDFAILED == FLUID_FAILED);
