"""quarnel-guide as one file: python quarnel-guide.pyz COMMAND."""
import os
import sys

# After the archive itself, its own folder: a quarnel module copied beside it
# serves the reads, where the tool would otherwise use its pure reader unseen.
sys.path.insert(1, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from quarnel_guide import main  # noqa: E402

sys.exit(main())
