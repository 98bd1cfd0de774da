"""tamrix: read, query, edit and write IDF building-simulation input files."""

__version__ = "0.1.0"
