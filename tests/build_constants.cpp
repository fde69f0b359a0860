// The constants native_vell takes from its build: the vell it runs and the
// source tree it was built from. They live apart from the cases so that one
// compiled set of cases serves every build of the executable.

extern const char VELL_EXE[];
extern const char PROJECT_ROOT[];

const char VELL_EXE[] = VELL_EXE_PATH;
const char PROJECT_ROOT[] = PROJECT_ROOT_PATH;
