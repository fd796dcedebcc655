import os

import pytest

# Set by the sanitizer stage of CI. The address sanitizer's allocator aborts
# the process where an allocation fails (it cannot make operator new throw),
# and its quarantine of freed memory makes the process's size meaningless.
SANITIZED = bool(os.environ.get("TORVELIN_SANITIZED"))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "exhausts_memory: the test makes an allocation fail on purpose")
    config.addinivalue_line(
        "markers", "measures_process_memory: the test reads the process's memory use")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    reasons = {
        "exhausts_memory": "the address sanitizer aborts on a failed allocation",
        "measures_process_memory": "the address sanitizer holds freed memory back",
    }
    for item in items:
        for marker, reason in reasons.items():
            if marker in item.keywords:
                item.add_marker(pytest.mark.skip(reason=reason))
