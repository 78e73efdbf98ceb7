// The stages of a run, in order: the release and install decision, the
// download, and the verification, launch and the installer's result.
#pragma once

#include "setup/flow.h"

extern const SetupStage setup_stages[];
extern const size_t setup_stage_count;
