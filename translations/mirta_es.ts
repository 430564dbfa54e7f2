<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en">
<context>
    <name>TrayMenu</name>
    <message>
        <source>&amp;Launch browser</source>
        <translation>&amp;Abrir navegador</translation>
    </message>
    <message>
        <source>&amp;Copy IP address to clipboard</source>
        <translation>&amp;Copiar la dirección IP al portapapeles</translation>
    </message>
    <message>
        <source>&amp;Language</source>
        <translation>&amp;Idioma</translation>
    </message>
    <message>
        <source>&amp;Change listening port</source>
        <translation>Cambiar el &amp;puerto de escucha</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;Acerca de</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Salir</translation>
    </message>
    <message>
        <source>Listening port modification</source>
        <translation>Modificación del puerto de escucha</translation>
    </message>
    <message>
        <source>New listening port:</source>
        <translation>Nuevo puerto de escucha:</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Acerca de</translation>
    </message>
    <message>
        <source>Program is running.</source>
        <translation>El programa está en ejecución.</translation>
    </message>
    <message>
        <source>Program is listening on port: </source>
        <translation>El programa escucha en el puerto: </translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>¡Error!</translation>
    </message>
    <message>
        <source>Cannot bind on port: </source>
        <translation>No se puede usar el puerto: </translation>
    </message>
    <message>
        <source>. Port already in use!</source>
        <translation>. ¡El puerto ya está en uso!</translation>
    </message>
</context>
</TS>
