// The stages of a run, in order: the release and install decision, the
// download, and the verification, launch and the installer's result. Each
// returns 1 to hand on or 0 when it has ended the run.
#pragma once

#include "setup/flow.h"

int stage_release(SetupRun *run);
int stage_download(SetupRun *run);
int stage_install(SetupRun *run);

extern const SetupStage setup_stages[];
extern const size_t setup_stage_count;
