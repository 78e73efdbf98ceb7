"""The end-to-end groups: one module of scenarios each (see ../e2e.py)."""
