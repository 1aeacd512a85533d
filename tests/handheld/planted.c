/* A call that the handheld images must never make. The image check's
   self-test links it into copies of the real images, importing PLANTED from
   whatever DLL the variant names. */
__declspec(dllimport) int PLANTED(void);

int rx_planted(void)
{
    return PLANTED();
}
