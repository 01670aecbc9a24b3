/* Stand-in for devcon in test builds of 262FWUpgradeTool: it restarts no
   device and ends with failure, whatever it is asked. */
int main(void) { return 1; }
