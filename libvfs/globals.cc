#include "copiers.h"

uint64_t file_size;
uint64_t zero_copies;
uint64_t tripl_copies;
uint64_t pent_copies;

unsigned int debug;
unsigned int verbose;
const char *program_name = "tandro";

const uint32_t lookup = 1;
