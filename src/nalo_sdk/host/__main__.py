"""``python3 -m nalo_sdk.host [--in-fd N] [--out-fd N]``: run a worker.

Written so that an interpreter too old for the worker still reads this file
and says why it stops (exit status 3), rather than failing on syntax.
"""

import sys

MINIMUM = (3, 9)

if sys.version_info[:2] < MINIMUM:
    sys.stderr.write(
        "nalo-host: Python %d.%d is not supported (needs %d.%d or newer)\n"
        % (sys.version_info[0], sys.version_info[1], MINIMUM[0], MINIMUM[1])
    )
    sys.exit(3)

from nalo_sdk.host.worker import main  # noqa: E402

sys.exit(main(sys.argv[1:]))
