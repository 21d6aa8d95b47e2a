"""The package's version, written once (the build reads it from here)."""

__version__ = "0.1.0"
