#include "service/entry.h"

int main(int argc, char** argv) { return telmir::service::program_main(argc, argv); }
