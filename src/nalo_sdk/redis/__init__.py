"""Redis services of the kit."""
