"""Unit tests of the Python services, run from the source tree with /usr/bin/python3 -m pytest."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
