/* Refers to a function no library defines, so binding it at load time fails. */
int veltrox_fixture_nowhere(void);
int veltrox_fixture_calls_nowhere(void) { return veltrox_fixture_nowhere(); }
