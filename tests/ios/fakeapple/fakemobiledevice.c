/* A library that only answers to its name: enough to be found and loaded. */
int AMDeviceNotificationSubscribe(void *callback, int a, int b, void *context, void **handle)
{
    (void)callback; (void)a; (void)b; (void)context;
    if (handle)
        *handle = 0;
    return 0;
}
