// Platform simulator: plays the BMC's platform services on the system bus.
int main()
{
    return 0;
}
