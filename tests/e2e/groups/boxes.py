"""The windowed runs' questions and final boxes under Xvfb: Retry/Cancel
after eight failed attempts, the repair question, the error box. They hold
no timing bound (each waits for its box), so unlike the group "window" they
run beside other tests."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)
from groups.window import (window_error_box, window_repair_no, window_retry_question_cancel,
                           window_retry_question_retry)


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""
    return [
        dict(name="retry-question-cancel", runner=window_retry_question_cancel),
        dict(name="retry-question-retry", runner=window_retry_question_retry),
        dict(name="error-box", runner=window_error_box),
        dict(name="repair-question-no", runner=window_repair_no),
    ]
