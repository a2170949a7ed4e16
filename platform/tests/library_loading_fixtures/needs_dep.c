/* Needs the library built from dep.c, which is kept out of its search path. */
int veltrox_fixture_dep_answer(void);
int veltrox_fixture_needs_dep(void) { return veltrox_fixture_dep_answer() + 1; }
