// The program's stage list.
#include "setup/stages.h"

#include "common/log.h"

static int stage_release(SetupRun *run) {
    log_line("release stage: not part of this build yet");
    return setup_end(run, SETUP_EXIT_CLOUD, "release");
}

const SetupStage setup_stages[] = {stage_release};
const size_t setup_stage_count = sizeof(setup_stages) / sizeof(setup_stages[0]);
