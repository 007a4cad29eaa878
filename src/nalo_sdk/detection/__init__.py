"""Detection post-processing of the kit."""
