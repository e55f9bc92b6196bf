<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>DirectoryUpdate</name>
    <message>
        <source>Can&apos;t overwrite %1.
%2
Do you wish to stop update?</source>
        <translation>Kann Datei %1 nicht überschreiben.
%2
Update anhalten?</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>%1 is in the way.</source>
        <translation>%1 ist im Weg.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source> KB/s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 KB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 is missing, cannot proceed.</source>
        <translation>%1 fehlt, kann nicht fortfahren.</translation>
    </message>
    <message>
        <source>The trusted key file update.pub cannot be used: %1</source>
        <translation>Die Datei update.pub mit den vertrauenswürdigen Schlüsseln ist nicht verwendbar: %1</translation>
    </message>
    <message>
        <source>/</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>0 KB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>0 KB/s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>1234</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Aktualisierung läuft momentan.&lt;/p&gt;&lt;p&gt;Wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>&lt;span style=&quot;font-size:small;&quot;&gt;Copyright © Voxmere Software, &lt;a href=&quot;https://www.voxmere.example/&quot;&gt;www.voxmere.example&lt;/a&gt;&lt;/span&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;span style=&quot;font-size:14pt; font-weight:bold;&quot;&gt;Voxmere 3 Client Update&lt;/span&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Another update is running.</source>
        <translation>Eine andere Aktualisierung läuft bereits.</translation>
    </message>
    <message>
        <source>Bytes per second for the whole download, such as 500K, 8M or 1G (K = 1024); empty or 0: no limit. Kept in update.ini.</source>
        <translation>Bytes pro Sekunde für den ganzen Download, etwa 500K, 8M oder 1G (K = 1024); leer oder 0: keine Begrenzung. Wird in update.ini gespeichert.</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message>
        <source>Details</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Download abgebrochen. Die Gründe zeigt „Details“.</translation>
    </message>
    <message>
        <source>Download limit per second:</source>
        <translation>Download-Begrenzung pro Sekunde:</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Not a download limit: %1</source>
        <translation>Keine gültige Download-Begrenzung: %1</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Start Voxmere</source>
        <translation>Voxmere starten</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Update starten</translation>
    </message>
    <message>
        <source>The limit-rate in update.ini is not a rate such as 500K, 8M or 1G: %1</source>
        <translation>Der Eintrag limit-rate in update.ini ist keine Rate wie 500K, 8M oder 1G: %1</translation>
    </message>
    <message>
        <source>The Voxmere 3 Client should be
closed before starting the update.</source>
        <translation>Der Voxmere 3 Client sollte geschlossen werden,
bevor die Aktualisierung gestartet wird.</translation>
    </message>
    <message>
        <source>Unable to get temp directory.</source>
        <translation>Konnte Temp Verzeichnis nicht finden.</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Update incomplete. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung unvollständig. Die Gründe zeigt „Details“.</translation>
    </message>
    <message>
        <source>Version:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Voxmere 3 Client Update</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Warnung</translation>
    </message>
    <message>
        <source>about %1 h %2 min left</source>
        <translation>noch etwa %1 Std. %2 Min.</translation>
    </message>
    <message>
        <source>about %1 min left</source>
        <translation>noch etwa %1 Min.</translation>
    </message>
    <message>
        <source>about %1 s left</source>
        <translation>noch etwa %1 Sek.</translation>
    </message>
    <message>
        <source>none</source>
        <translation>keine</translation>
    </message>
    <message>
        <source>No mirror has a valid latest-version record of %1.</source>
        <translation>Kein Mirror hat einen gültigen Eintrag der neuesten Version von %1.</translation>
    </message>
    <message>
        <source>The newest expired on %1.</source>
        <translation>Der neueste ist am %1 abgelaufen.</translation>
    </message>
    <message>
        <source>Unable to write %1.</source>
        <translation>Konnte %1 nicht schreiben.</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>--nouser option is missed</source>
        <translation>Die Option --nouser fehlt</translation>
    </message>
    <message>
        <source>Can&apos;t detect default parameters</source>
        <translation>Konnte Standard Parameter nicht finden</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Konnte aktuelle Client Version nicht
vom Aktualisierungsserver abfragen.</translation>
    </message>
    <message>
        <source>No client type specified</source>
        <translation>Kein Client Type angegeben</translation>
    </message>
    <message>
        <source>No client version specified</source>
        <translation>Keine Client Version angegeben</translation>
    </message>
    <message>
        <source>Wrong version code</source>
        <translation>Falsche Versionsnummer</translation>
    </message>
</context>
</TS>
