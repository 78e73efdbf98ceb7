// The program's stage list.
#include "setup/stages.h"

const SetupStage setup_stages[] = {stage_release, stage_download, stage_install};
const size_t setup_stage_count = sizeof(setup_stages) / sizeof(setup_stages[0]);
