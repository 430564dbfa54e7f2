<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL" sourcelanguage="en">
<context>
    <name>TrayMenu</name>
    <message>
        <source>&amp;Launch browser</source>
        <translation>&amp;Uruchom przeglądarkę</translation>
    </message>
    <message>
        <source>&amp;Copy IP address to clipboard</source>
        <translation>&amp;Kopiuj adres IP do schowka</translation>
    </message>
    <message>
        <source>&amp;Language</source>
        <translation>&amp;Język</translation>
    </message>
    <message>
        <source>&amp;Change listening port</source>
        <translation>&amp;Zmień port nasłuchu</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;O programie</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>Za&amp;kończ</translation>
    </message>
    <message>
        <source>Listening port modification</source>
        <translation>Zmiana portu nasłuchu</translation>
    </message>
    <message>
        <source>New listening port:</source>
        <translation>Nowy port nasłuchu:</translation>
    </message>
    <message>
        <source>About</source>
        <translation>O programie</translation>
    </message>
    <message>
        <source>Program is running.</source>
        <translation>Program działa.</translation>
    </message>
    <message>
        <source>Program is listening on port: </source>
        <translation>Program nasłuchuje na porcie: </translation>
    </message>
    <message>
        <source>Error!</source>
        <translation>Błąd!</translation>
    </message>
    <message>
        <source>Cannot bind on port: </source>
        <translation>Nie można otworzyć portu: </translation>
    </message>
    <message>
        <source>. Port already in use!</source>
        <translation>. Port jest już zajęty!</translation>
    </message>
</context>
</TS>
