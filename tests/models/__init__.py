"""Plain Python models of the module's algorithms and of its reading of PAIR_MARGIN: the one
reference that the tests compare the module with and that the benchmarks time it against (they put
this directory's parent on their path)."""
