"""python3 -m nightdehaze.preview: the nightdehaze-preview command."""
import sys

from . import main

sys.exit(main())
