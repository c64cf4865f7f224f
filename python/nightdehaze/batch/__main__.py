"""python3 -m nightdehaze.batch: the nightdehaze-batch command."""

import sys

from . import main

sys.exit(main())
