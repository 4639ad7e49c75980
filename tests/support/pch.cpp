// Nothing of its own: the program that carries the test programs' precompiled headers.
