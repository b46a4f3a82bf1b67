// Placeholder until the CLI work lands.
#include <cstdio>
int main() { std::fputs("img_util: not built yet\n", stderr); return 2; }
