#include <iostream>

int main()
{
    std::cout << "morva-firewall " MORVA_VERSION "\n";
    return 0;
}
