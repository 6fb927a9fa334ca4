      * Reads a variable record sequential file and shows each record
      * with its length; COB_VARSEQ_FORMAT picks the prefix it expects.
       IDENTIFICATION DIVISION.
       PROGRAM-ID. READER.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT VARF ASSIGN TO "in.dat"
               ORGANIZATION IS RECORD SEQUENTIAL.
       DATA DIVISION.
       FILE SECTION.
       FD VARF RECORD IS VARYING IN SIZE FROM 1 TO 300 CHARACTERS
               DEPENDING ON VLEN.
       01 VREC PIC X(300).
       WORKING-STORAGE SECTION.
       01 VLEN PIC 9(4) COMP.
       01 SHOWN PIC 9(4).
       01 DONE PIC X VALUE "N".
       PROCEDURE DIVISION.
           OPEN INPUT VARF.
           PERFORM UNTIL DONE = "Y"
               READ VARF
                   AT END MOVE "Y" TO DONE
                   NOT AT END
                       MOVE VLEN TO SHOWN
                       DISPLAY SHOWN ":" VREC(1:VLEN)
               END-READ
           END-PERFORM.
           CLOSE VARF.
           STOP RUN.
