// Discovery report: the writer (-d) and the apply mode (-u).
#include "main/vexor.h"
