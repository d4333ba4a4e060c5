// (filled in by a later change)
