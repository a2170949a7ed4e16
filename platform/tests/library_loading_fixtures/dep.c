/* The library that load_fixture_needs_dep needs. Nothing loads it directly:
   once loaded, its name would satisfy the dependency. */
int veltrox_fixture_dep_answer(void) { return 41; }
