"""python -m quarnel_guide COMMAND"""
import sys

from quarnel_guide._cli import main

sys.exit(main())
