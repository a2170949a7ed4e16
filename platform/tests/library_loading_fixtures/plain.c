/* A plain library: loads anywhere, exports one function. */
int veltrox_fixture_answer(void) { return 42; }
