"""The package's version; it follows the project's (CMakeLists.txt), which a test checks."""

__version__ = "1.1.0"
