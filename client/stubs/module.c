/* A loadable module of the sample client: it only names itself, which is all
   the launcher's copy needs of a real loader or shaping engine. */
const char *zelvant_module_name(void);
const char *zelvant_module_name(void)
{
    return ZELVANT_MODULE_NAME;
}
